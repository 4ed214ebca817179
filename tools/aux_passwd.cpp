// Setting a password in an account database: claiming the temporary file, finding the user,
// asking for the password and replacing the field.
#include "aux_passwd.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "account_db.h"
#include "hash_option.h"
#include "utils.h"

namespace {

void say(const char *text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void report_open_failure() {
    std::fflush(stdout);
    std::perror("Error opening file :");
}

// Whether the database opens for reading and updating and holds the user; says why not.
bool user_found(const char *user, const char *database) {
    FILE *file = std::fopen(database, "r+");
    if (file == nullptr) {
        report_open_failure();
        return false;
    }
    long pos = 0;
    char *record = search_user_line(file, user, &pos);
    std::fclose(file);
    if (record == nullptr) {
        say("User doesn't exist in database\n");
        return false;
    }
    std::free(record);
    return true;
}

int report(const passwd_texts &texts, db_result result) {
    switch (result) {
    case db_result::done: return passwd_success;
    case db_result::no_record: say("User doesn't exist in database\n"); break;
    case db_result::open_database: report_open_failure(); break;
    case db_result::field1_unterminated: say(texts.field1_unterminated); break;
    case db_result::field_unterminated: say(texts.field_unterminated); break;
    case db_result::no_memory: say("Sorry, no space left on disk\n"); break;
    case db_result::lock: say("I can't lock the database file, nothing changed.\n"); break;
    default: say("Error writing the database file, nothing changed.\n"); break;
    }
    return passwd_failure;
}

} // namespace

bool run_by_superuser() {
    if (getuid() == 0) return true;
    say("You don't have the permissions to execute this file\n");
    return false;
}

bool refuse_root(const passwd_texts &texts, const char *user) {
    if (std::strcmp(user, "root") != 0) return false;
    say(texts.usage);
    return true;
}

bool take_method(const passwd_texts &texts, int *argc, char ***argv, salt_form *form) {
    if (take_hash_option(argc, argv, form) != hash_option::bad) return true;
    say(texts.usage);
    return false;
}

int set_password(const passwd_texts &texts, const char *user, const char *database, int field,
                 salt_form form) {
    // The claim lasts through the dialogue: no other rewrite can come between the search and
    // the replacement. Its destructor removes the file on every way out.
    aux_file_claim claim;
    const db_result claimed = claim.acquire();
    if (claimed == db_result::aux_file) {
        if (texts.aux_file != nullptr) say(texts.aux_file);
        return passwd_failure;
    }
    if (claimed != db_result::done) return report(texts, claimed);
    if (!user_found(user, database)) return passwd_failure;

    say("New password: ");
    entry_failure failure = entry_failure::none;
    char *hash = insert_pwd(form, &failure);
    if (hash == nullptr) {
        const char *refusal = entry_failure_text(failure);
        say(refusal != nullptr ? refusal : texts.mismatch);
        return passwd_failure;
    }
    const field_change change{database, user, field, '!', hash, name_match::any_case};
    const db_result result = replace_field(claim, change);
    std::free(hash);
    return report(texts, result);
}
