// Reading the shell's lines. libedit (BSD licensed) gives line editing and history; its
// own read loop blocks, which is why keep-alive packets come from a thread of their own.
#include "line_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "interrupt.h"

#ifdef TVN_HAVE_LIBEDIT
#include <histedit.h>
#endif

namespace tvnclient {

#ifdef TVN_HAVE_LIBEDIT
struct line_reader::editor {
    EditLine *line = nullptr;
    History *past = nullptr;
    std::string prompt;

    static char *prompt_of(EditLine *line) {
        editor *self = nullptr;
        el_get(line, EL_CLIENTDATA, &self);
        return self->prompt.data();
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
