// The shell's input: an edited line with history at a terminal (libedit), plain lines from
// a pipe or a file, or at a terminal when libedit is not built in.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "completion.h"

namespace tvnclient {

class line_reader {
public:
    enum class result { line, end, interrupted };

    // Edits lines only when standard input and output are terminals.
    line_reader();
    ~line_reader();
    line_reader(const line_reader &) = delete;
    line_reader &operator=(const line_reader &) = delete;

    // True when a person types: the shell then shows a prompt.
    bool interactive() const { return interactive_; }
    // The next line, without its line feed. `interrupted` after Ctrl-C at the prompt.
    result read(const std::string &prompt, std::string &line);

    // What TAB does while a line is edited: given the line up to the cursor, the text to
    // insert or the names to show. Without line editing there is no TAB to press.
    using completer = std::function<completion(std::string_view typed)>;
    void set_completer(completer complete);

private:
    struct editor;
    result read_plain(const std::string &prompt, std::string &line);

    bool interactive_ = false;
    std::unique_ptr<editor> editor_;
    std::string pending_; // plain input read past the current line
    bool input_ended_ = false;
};

} // namespace tvnclient
