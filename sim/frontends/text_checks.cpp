#include "frontends/text_checks.hpp"

#include <algorithm>
#include <cstdio>

#include "frontends/escape.hpp"

namespace kelto::sim::frontend {

namespace {

// Console output kept for the text checks and the recent lines.
constexpr std::size_t history_bytes = std::size_t{64} * 1024;
constexpr std::size_t recent_lines = 8;
constexpr std::size_t recent_line_bytes = 160;

}  // namespace

TextChecks::TextChecks(const std::vector<std::string> &fail_on, const std::optional<std::string> &expect)
    : fail_on_(&fail_on), expect_(&expect)
{
    for (const std::string &text : fail_on)
        longest_text_ = std::max(longest_text_, text.size());
    if (expect)
        longest_text_ = std::max(longest_text_, expect->size());
}

bool TextChecks::take(char byte, double seconds)
{
    if (recent_.empty() || recent_.back().text.ends_with('\n')) {
        recent_.push_back(Line{seconds, {}});
        if (recent_.size() > recent_lines)
            recent_.pop_front();
    }
    std::string &line = recent_.back().text;
    if (line.size() < recent_line_bytes || byte == '\n')
        line.push_back(byte);

    unmatched_.push_back(byte);
    const std::size_t keep = std::max(history_bytes, longest_text_);
    if (unmatched_.size() >= 2 * keep)
        unmatched_.erase(0, unmatched_.size() - keep);
    // --fail-on and --expect look at everything; a wait_for only past the
    // previous match, which is where unmatched_ starts.
    tail_.push_back(byte);
    if (tail_.size() >= 2 * std::max<std::size_t>(longest_text_, 64))
        tail_.erase(0, tail_.size() - longest_text_);
    bool stop = false;
    for (const std::string &text : *fail_on_) {
        if (!fail_seen_ && tail_.ends_with(text)) {
            fail_seen_ = text;
            stop = true;
        }
    }
    if (*expect_ && !expect_seen_ && tail_.ends_with(**expect_)) {
        expect_seen_ = true;
        stop = true;
    }
    if (watch_ && unmatched_.ends_with(*watch_)) {
        unmatched_.clear();
        text_seen_ = true;
        stop = true;
    }
    return stop;
}

bool TextChecks::find(const std::string &text)
{
    const auto found = unmatched_.find(text);
    if (found == std::string::npos)
        return false;
    unmatched_.erase(0, found + text.size());
    return true;
}

void TextChecks::watch(const std::string &text)
{
    longest_text_ = std::max(longest_text_, text.size());
    watch_ = text;
}

bool TextChecks::end_watch()
{
    watch_.reset();
    const bool seen = text_seen_;
    text_seen_ = false;
    return seen;
}

std::string TextChecks::recent_output() const
{
    if (recent_.empty())
        return "the console said nothing\n";
    std::string text = "the console's last lines:\n";
    char stamp[32];
    for (const Line &line : recent_) {
        std::snprintf(stamp, sizeof stamp, "  %11.6f s  ", line.time);
        std::string shown = line.text;
        std::erase_if(shown, [](char c) { return c == '\r' || c == '\n'; });
        text += stamp + escaped(shown, Notation::line) + "\n";
    }
    return text;
}

}  // namespace kelto::sim::frontend
