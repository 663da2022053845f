#pragma once

#include <initializer_list>

/// Exit codes of every command, with their names and meanings for the help text and the README.
namespace Exit {
constexpr int Ok = 0;             ///< done
constexpr int NotFound = 1;       ///< receiver not found or not answering
constexpr int BadInput = 2;       ///< bad arguments, values or files; nothing was sent
constexpr int Failed = 3;         ///< programming or confirmation failed
constexpr int Behind = 4;         ///< status and the dry runs: a receiver is behind what is wanted
constexpr int Hangup = 129;       ///< ended by SIGHUP, as a shell reports it (128 + 1)
constexpr int Interrupted = 130;  ///< Ctrl-C before anything was programmed, as a shell reports SIGINT
constexpr int Terminated = 143;   ///< ended by SIGTERM, as a shell reports it (128 + 15)

struct Meaning {
    int code;
    const char* name;
    const char* text;
};
inline constexpr Meaning Meanings[] = {
    {Ok, "ok", "done"},
    {NotFound, "not-found", "receiver not found or not answering"},
    {BadInput, "bad-input", "bad input (arguments, values, files or release; nothing was sent)"},
    {Failed, "failed", "programming, verification or confirmation failed, or a staged rollout stopped"},
    {Behind, "behind", "status --release and the dry runs: a receiver is behind what is wanted"},
    {Hangup, "hangup", "ended by SIGHUP during an update (a run under way is recorded as abandoned)"},
    {Interrupted, "interrupted", "interrupted (Ctrl-C) before anything was programmed"},
    {Terminated, "terminated", "ended by SIGTERM during an update (a run under way is recorded as abandoned)"},
};

/// The code that says more of two: bad input before a failure before a missing receiver before a
/// receiver behind its release before success.
constexpr int worst(int a, int b)
{
    int rank[2] = {0, 0};
    int i = 0;
    for (int code : {a, b}) {
        int r = 0;
        for (int c : {Ok, Behind, NotFound, Failed, BadInput}) {
            if (c == code)
                break;
            ++r;
        }
        rank[i++] = r;
    }
    return rank[0] >= rank[1] ? a : b;
}
static_assert(worst(Behind, NotFound) == NotFound && worst(BadInput, Failed) == BadInput && worst(Ok, Behind) == Behind,
              "bad input, failure, missing, behind, done");
} // namespace Exit
