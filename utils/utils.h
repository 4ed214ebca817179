// The shared utility library, part one: the configuration-file reader, the log-message
// formatter and password entry at the terminal. Linked statically into the modules and the
// administration tools; the server library has a reader of its own.
//
// The reader keeps no state between calls: a caller opens "conf/tolvane.conf" itself, finds
// its section with search_module, reads lines with readline until the closing tag and closes
// the file.
#pragma once

#include <cstddef>
#include <cstdio>

#include "line_reader.h"
#include "tolvane/module.h"

// Two words of a configuration line: text[0] the key, text[1] the value. Both point into the
// line that read_word split, and live as long as that buffer is not cleared or reused.
struct row {
    char *text[2];
};

// Reads up to the character term (consumed, not stored) into *buf, with read_line
// (line_reader.h). The source fd is a FILE * when from_file is non-zero, otherwise a
// zero-terminated string read from its first character.
// *buf must be a heap block of size bytes (size >= 1) that the caller owns and has zero-filled:
// characters are stored without a terminating zero. When the line does not fit, the block is
// reallocated to twice its size, the new half zero-filled, and *buf replaced.
// Returns the block's size after the call, or -1 when nothing could be read: end of stream
// before the first character, a string that ends (or reaches a line feed, unless term is one)
// before term, or a failed reallocation (then *buf is still the old, valid block).
long readline(const void *fd, char term, long size, char **buf, int from_file);

// Splits line in place into a key and a value: each is a word after optional blanks, or a
// text in double quotes (no escapes; a missing closing quote runs to the end of the line).
// A missing word is the empty string. Whatever follows the value is ignored; the character
// right after a closing quote is stepped over without being looked at.
void read_word(char *line, row *r);

// -1 for an empty, blank or comment line; 1 when the line is the tag target ("VirtualDomain"
// for an opening tag, "/module" for a closing one); 0 otherwise. The first letter of an opening
// tag's word is not compared, and ">" may come after further words.
int find_tag(const char *line, const char *target);

// 0 when line is the opening tag "<" target name ">" (blanks allowed around each part),
// -1 otherwise. Words are cut after 20 characters, so a longer name never matches.
int scan_line(const char *line, const char *target, const char *name);

// Reads fp up to the line "<module mod_name>" and leaves it on the line after: 0. When the
// section is missing, prints "I can't find <module %s> section, I can't go on\n" on standard
// output: -1; also -1, silently, when memory is short.
int search_module(FILE *fp, const char *mod_name);

// Appends to request->log_message (request pool) one piece per letter of msg: "s" a string
// (NULL appends nothing), "d" an int in decimal, "c" a character; every other character of
// msg is skipped. When memory is short the request is left without a log message.
void tvnprint(tvn_request *request, const char *msg, ...);

// The hash forms a writer of the account databases can choose. Readers verify every form the
// host's hashing function knows, the traditional one included.
//   traditional     a 2-character salt (only the first eight characters of a password count);
//   md5             "$1$" and eight salt characters;
//   sha512, yescrypt  "$6$" or "$y$" with a salt and the cost the host's library chooses;
//   host_preferred  what the host's own password tools write (its library's default method).
enum class salt_form { traditional, md5, sha512, yescrypt, host_preferred };

// A password longer than this could never log in: CONNECT carries at most 16 bytes of it.
inline constexpr std::size_t login_password_limit = 16;

// Why a password entry gave no hash.
enum class entry_failure {
    none,
    terminal, // the terminal could not be handled (a message was printed)
    differ,   // the two entries differ
    ended,    // the input ended at a prompt
    empty,    // an empty password was typed
    too_long, // longer than login_password_limit
    hashing,  // the host's hashing function refused the chosen form
};

// What a tool prints for ended, empty, too_long and hashing; NULL for the others, which each tool
// reports in its own words.
const char *entry_failure_text(entry_failure failure);

// Reads one line from standard input with the terminal's echo off. The result is a heap
// block of at least 35 bytes that the caller releases with free(); NULL, after "Internal
// error\n" or "Intrnal error\n", when the terminal could not be handled, and NULL (after a
// line feed) when the input ended before anything was typed.
char *get_pwd();

// Asks for a password twice ("Re-enter the new password : " before the second) and returns
// its hash with a fresh salt of the given form, in a block the caller releases with free().
// An empty password, one longer than login_password_limit, and the end of the input are
// refused after the first entry. NULL when refused, when the entries differ or when the
// terminal could not be handled; *failure, when given, says which. The caller prints its own
// prompt before and its own message on NULL.
char *insert_pwd(salt_form form, entry_failure *failure = nullptr);
