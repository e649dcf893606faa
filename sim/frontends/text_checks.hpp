// The console's output as the checks see it: --expect and --fail-on over
// everything, a scenario's wait_for past its previous match, and the last
// lines for a failure's message. Bounded: no more than a window as long as
// the longest text looked for, and a few short lines.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace kelto::sim::frontend {

class TextChecks {
public:
    TextChecks(const std::vector<std::string> &fail_on, const std::optional<std::string> &expect);

    // A byte the console sent, at this board time. True when it completes a
    // text looked for: the run should stop to look.
    bool take(char byte, double seconds);

    // Looks for text in the output since the last match; the match moves
    // the mark past it.
    bool find(const std::string &text);
    // Looks for text as it comes, until end_watch; true when it was seen.
    void watch(const std::string &text);
    bool end_watch();
    bool watched_seen() const { return text_seen_; }
    const std::optional<std::string> &watched() const { return watch_; }

    bool expect_seen() const { return expect_seen_; }
    // The --fail-on text that appeared, if one did.
    const std::optional<std::string> &fail_seen() const { return fail_seen_; }

    // The last lines of console output with their board times.
    std::string recent_output() const;

private:
    // The options' own, which outlive the checks; pointers, so that the
    // checks of one session can be handed to another of the same options.
    const std::vector<std::string> *fail_on_;
    const std::optional<std::string> *expect_;
    // Output since the last match: only its tail is kept, as long as the
    // longest text looked for.
    std::string unmatched_;
    std::size_t longest_text_ = 0;
    // The last bytes, as many as the longest --expect or --fail-on text.
    std::string tail_;
    struct Line {
        double time;
        std::string text;
    };
    std::deque<Line> recent_;
    std::optional<std::string> watch_;
    bool expect_seen_ = false, text_seen_ = false;
    std::optional<std::string> fail_seen_;
};

}  // namespace kelto::sim::frontend
