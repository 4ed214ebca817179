// The record a user-creation tool builds, one field at a time. A record, line feed included,
// has at most 1023 characters; a field that would leave too little room for the fields still
// to come is refused at once, so the dialogue stops before it creates directories for a record
// that could never be written.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The longest record, line feed included.
inline constexpr std::size_t record_limit = 1023;

class record_line {
public:
    // shortest: for each field after the name, in order, the fewest characters it can hold.
    explicit record_line(std::vector<std::size_t> shortest) : shortest_(std::move(shortest)) {}

    // Appends text and "!" as the next field, the name being the first. False, and nothing
    // appended, when the record could then no longer fit with the shortest fields to come.
    bool add(std::string_view text);
    // The record so far, without a line feed.
    const std::string &text() const { return text_; }

private:
    std::vector<std::size_t> shortest_;
    std::size_t fields_ = 0; // fields appended, the name included
    std::string text_;
};
