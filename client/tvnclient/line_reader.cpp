// Reading the shell's lines. libedit (BSD licensed) gives line editing and history; its
// own read loop blocks, which is why keep-alive packets come from a thread of their own.
#include "line_reader.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "interrupt.h"

#ifdef TVN_HAVE_LIBEDIT
#include <histedit.h>
#endif

namespace tvnclient {

#ifdef TVN_HAVE_LIBEDIT
namespace {

// The choices of a completion below the line, in columns across the terminal, as ls shows
// names.
void show_choices(const std::vector<std::string> &choices) {
    winsize size{};
    const std::size_t width =
        ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    std::size_t widest = 0;
    for (const std::string &choice : choices) widest = std::max(widest, choice.size());
    const std::size_t column = widest + 2;
    const std::size_t columns = std::max<std::size_t>(1, width / column);
    const std::size_t rows = (choices.size() + columns - 1) / columns;
    std::fputc('\n', stdout);
    for (std::size_t row = 0; row < rows; ++row) {
        for (std::size_t at = row; at < choices.size(); at += rows) {
            if (at + rows >= choices.size())
                std::fputs(choices[at].c_str(), stdout); // the last column: no padding
            else
                std::fprintf(stdout, "%-*s", static_cast<int>(column), choices[at].c_str());
        }
        std::fputc('\n', stdout);
    }
    std::fflush(stdout);
}

} // namespace

struct line_reader::editor {
    EditLine *line = nullptr;
    History *past = nullptr;
    std::string prompt;
    completer complete;

    static editor *of(EditLine *line) {
        editor *self = nullptr;
        el_get(line, EL_CLIENTDATA, &self);
        return self;
    }

    static char *prompt_of(EditLine *line) { return of(line)->prompt.data(); }

    // Bound to TAB.
    static unsigned char complete_word(EditLine *line, int) {
        editor *self = of(line);
        if (!self->complete) return CC_ERROR;
        const LineInfo *info = el_line(line);
        const completion found = self->complete(
            std::string_view(info->buffer, static_cast<std::size_t>(info->cursor - info->buffer)));
        if (!found.insert.empty()) {
            if (el_insertstr(line, found.insert.c_str()) != 0) return CC_ERROR;
            return CC_REFRESH;
        }
        if (found.choices.empty()) return CC_ERROR; // a beep: nothing fits
        show_choices(found.choices);
        return CC_REDISPLAY;
    }

    bool start() {
        line = el_init("tvnclient", stdin, stdout, stderr);
        past = history_init();
        if (line == nullptr || past == nullptr) return false;
        HistEvent event;
        history(past, &event, H_SETSIZE, 1000);
        history(past, &event, H_SETUNIQUE, 1);
        el_set(line, EL_CLIENTDATA, this);
        el_set(line, EL_PROMPT, &editor::prompt_of);
        el_set(line, EL_EDITOR, "emacs");
        el_set(line, EL_HIST, history, past);
        // The wide form: the narrow one keeps converted copies of the name and the help that
        // el_end never frees.
        el_wset(line, EL_ADDFN, L"tvn-complete", L"complete the name at the cursor",
                &editor::complete_word);
        el_set(line, EL_BIND, "^I", "tvn-complete", nullptr);
        el_source(line, nullptr); // the user's ~/.editrc
        return true;
    }

    ~editor() {
        if (line != nullptr) el_end(line);
        if (past != nullptr) history_end(past);
    }
};
#else
struct line_reader::editor {
    completer complete;
    bool start() { return false; }
};
#endif

line_reader::line_reader() {
    interactive_ = isatty(STDIN_FILENO) == 1 && isatty(STDOUT_FILENO) == 1;
    if (!interactive_) return;
    editor_ = std::make_unique<editor>();
    if (!editor_->start()) editor_.reset();
}

line_reader::~line_reader() = default;

void line_reader::set_completer(completer complete) {
    if (editor_) editor_->complete = std::move(complete);
}

line_reader::result line_reader::read(const std::string &prompt, std::string &line) {
#ifdef TVN_HAVE_LIBEDIT
    if (editor_) {
        editor_->prompt = prompt;
        int count = 0;
        const char *text = el_gets(editor_->line, &count);
        if (text == nullptr || count <= 0) {
            if (interrupted()) {
                std::fputc('\n', stdout);
                return result::interrupted;
            }
            if (count < 0 && errno == EINTR) return result::interrupted;
            return result::end;
        }
        line.assign(text, static_cast<std::size_t>(count));
        if (!line.empty() && line.back() == '\n') line.pop_back();
        if (line.find_first_not_of(" \t") != std::string::npos) {
            HistEvent event;
            history(editor_->past, &event, H_ENTER, line.c_str());
        }
        return result::line;
    }
#endif
    return read_plain(prompt, line);
}

line_reader::result line_reader::read_plain(const std::string &prompt, std::string &line) {
    if (interactive_) {
        std::fputs(prompt.c_str(), stdout);
        std::fflush(stdout);
    }
    for (;;) {
        const std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return result::line;
        }
        if (input_ended_) {
            if (pending_.empty()) return result::end;
            line.swap(pending_); // a last line without its line feed
            pending_.clear();
            return result::line;
        }
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n > 0) {
            pending_.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            input_ended_ = true;
        } else if (errno == EINTR) {
            if (interrupted()) {
                pending_.clear();
                if (interactive_) std::fputc('\n', stdout);
                return result::interrupted;
            }
        } else {
            input_ended_ = true;
        }
    }
}

} // namespace tvnclient
