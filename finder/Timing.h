#pragma once

/// The program's fixed delays and periods, named once for the code and for the tests.
namespace Timing {
constexpr int FindToRequestMs = 500;   ///< ms from Find to the discovery requests
constexpr int RequestToCloseMs = 500;  ///< ms the finder socket stays bound after the requests
constexpr int SetToCloseMs = 750;      ///< ms the finder socket stays bound after a Set
constexpr int TickMs = 1000;           ///< ms: period of the programming interface's connection tick
constexpr int SupervisionMs = 100;     ///< ms: period of the TCP link's supervision
constexpr int SupervisionTicks = 50;   ///< supervision periods without data before the link drops
} // namespace Timing
