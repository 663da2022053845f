#pragma once

#include <initializer_list>

/// Exit codes of every command, with their meaning for the help text and the README.
namespace Exit {
constexpr int Ok = 0;             ///< done
constexpr int NotFound = 1;       ///< receiver not found or not answering
constexpr int BadInput = 2;       ///< bad arguments, values or files; nothing was sent
constexpr int Failed = 3;         ///< programming or confirmation failed
constexpr int Behind = 4;         ///< status and apply --dry-run: a receiver is behind its release
constexpr int Interrupted = 130;  ///< Ctrl-C before anything was programmed, as a shell reports SIGINT

struct Meaning {
    int code;
    const char* text;
};
inline constexpr Meaning Meanings[] = {
    {Ok, "done"},
    {NotFound, "receiver not found or not answering"},
    {BadInput, "bad input (arguments, values, files or release; nothing was sent)"},
    {Failed, "programming, verification or confirmation failed"},
    {Behind, "status --release and apply --dry-run: a receiver is behind the release"},
    {Interrupted, "interrupted (Ctrl-C) before anything was programmed"},
    {129, "ended by SIGHUP during an update (a run under way is recorded as abandoned)"},
    {143, "ended by SIGTERM during an update (a run under way is recorded as abandoned)"},
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
