// The length rule of the record a user-creation tool builds.
#include "record_line.h"

bool record_line::add(std::string_view text) {
    // What must still follow this field: the shortest fields to come, each with its "!", and
    // the line feed.
    std::size_t rest = 1;
    for (std::size_t field = fields_; field < shortest_.size(); ++field)
        rest += shortest_[field] + 1;
    if (text_.size() + text.size() + 1 + rest > record_limit) return false;
    text_.append(text);
    text_.push_back('!');
    ++fields_;
    return true;
}
