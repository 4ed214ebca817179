// Fuzz target: the account database functions on arbitrary database text, names and hashes:
// the record search, the reading of a record's fields, and the replacement of one field
// through a real file in a scratch directory (which is also the working directory, where
// "./tvn_aux_file" goes). The replacement is held to a model of the file it must leave: on
// success the old file with the one field replaced, every other byte (every other line)
// unchanged; on failure the old file as it was; either way nothing else left in the directory.
//
// Input: a flag byte (bit 0 field 2 rather than 1, bit 1 separator ":" rather than "!", bit 2
// exact name match, bit 3 host-account layout, bits 4-7 a name length for reading the first
// line as a record), the user name and NUL, the new field text and NUL, then the database.
#include <strings.h>
#include <sys/stat.h>

#include <cstring>
#include <optional>
#include <string>

#include "account_db.h"
#include "fuzz_support.h"

namespace {

using tvn_fuzz::require;

constexpr char database_name[] = "accounts.db";

// Where the search must find the user's record: the offset of its first non-blank character
// and the record from there (up to the line's end or a NUL byte, as a C string holds it).
struct record_place {
    std::size_t offset;
    std::string text;
};

bool possible_name(const std::string &user) {
    return !user.empty() &&
           user.find_first_of(std::string_view(" \t!:\n\0", 6)) == std::string::npos;
}

std::optional<record_place> find_record(std::string_view database, const std::string &user,
                                        bool exact) {
    if (!possible_name(user)) return std::nullopt;
    for (std::size_t start = 0; start < database.size();) {
        const std::size_t end = database.find('\n', start);
        std::string_view line =
            database.substr(start, end == std::string_view::npos ? end : end - start);
        line = line.substr(0, line.find('\0'));
        const std::size_t blanks = line.find_first_not_of(" \t");
        if (blanks != std::string_view::npos) {
            const std::string_view record = line.substr(blanks);
            if (record.size() > user.size() &&
                strncasecmp(record.data(), user.data(), user.size()) == 0 &&
                (record[user.size()] == '!' || record[user.size()] == ':') &&
                (!exact || record.compare(0, user.size(), user) == 0))
                return record_place{start + blanks, std::string(record)};
        }
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return std::nullopt;
}

// The database the replacement must leave, or nothing when it must fail.
std::optional<std::string> replaced(std::string_view database, const field_change &change) {
    const std::string new_text = change.new_text;
    if (new_text.find(change.separator) != std::string::npos ||
        new_text.find('\n') != std::string::npos)
        return std::nullopt;
    const auto place = find_record(database, change.user, change.match == name_match::exact);
    if (!place) return std::nullopt;
    std::size_t kept_end = std::strlen(change.user) + 1;
    if (change.field == 2) {
        const std::size_t end = place->text.find(change.separator, kept_end);
        if (end == std::string::npos) return std::nullopt;
        kept_end = end + 1;
    }
    const std::size_t replaced_end = place->text.find(change.separator, kept_end);
    if (replaced_end == std::string::npos) return std::nullopt;
    return std::string(database.substr(0, place->offset + kept_end)) + new_text +
           std::string(database.substr(place->offset + replaced_end));
}

// The fields read must be pieces of the record, none holding a separator or a line feed.
void require_fields_inside(const char *record, const account_record &fields) {
    const std::string_view whole(record);
    for (std::string_view field : {fields.owner_hash, fields.guest_hash, fields.home_dir,
                                   fields.private_dir, fields.public_dir, fields.web_dir}) {
        if (field.empty()) continue;
        require(field.data() >= whole.data() &&
                    field.data() + field.size() <= whole.data() + whole.size(),
                "fields: a field outside the record");
        require(field.find_first_of("!\n") == std::string_view::npos,
                "fields: a field holding a separator");
    }
}

void check_search(const std::string &path, std::string_view database, const std::string &user,
                  name_match match, record_layout layout) {
    FILE *file = std::fopen(path.c_str(), "r");
    require(file != nullptr, "cannot open the database");
    long pos = -1;
    char *record = search_user_line(file, user.c_str(), &pos, match);
    std::fclose(file);
    const auto expected = find_record(database, user, match == name_match::exact);
    require(expected.has_value() == (record != nullptr),
            "search: found what is not there, or missed it");
    if (record == nullptr) return;
    require(pos >= 0 && std::size_t(pos) == expected->offset, "search: wrong offset");
    require(expected->text == record, "search: wrong record text");

    account_record fields;
    const bool complete = read_record_fields(record, user.size(), layout, &fields);
    require_fields_inside(record, fields);
    if (complete && !fields.home_dir.empty())
        require(fields.private_dir.empty() && fields.public_dir.empty() && fields.web_dir.empty(),
                "fields: directories read past a home directory");
    std::free(record);
}

void check_replacement(const std::string &scratch, std::string_view database,
                       const field_change &change) {
    const std::string path = scratch + database_name;
    struct stat before {};
    require(stat(path.c_str(), &before) == 0, "cannot stat the database");
    db_result result;
    {
        tvn_fuzz::working_in here(scratch);
        result = replace_field(change);
    }
    const auto expected = replaced(database, change);
    const std::string after = tvn_fuzz::read_file(path);
    if (expected) {
        require(result == db_result::done, "replace: refused a replacement it should make");
        require(after == *expected,
                "replace: the new file is not the old one with the field replaced");
    } else {
        require(result != db_result::done, "replace: reported a replacement it should refuse");
        require(after == database, "replace: a failed replacement changed the file");
    }
    struct stat now {};
    require(stat(path.c_str(), &now) == 0 && (now.st_mode & 07777) == (before.st_mode & 07777),
            "replace: the database lost its mode");
    const auto names = tvn_fuzz::directory_names(scratch);
    require(names.size() == 1 && names[0] == database_name,
            "replace: a file left in the directory");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    tvn_fuzz::quiet_standard_output();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tvn_fuzz::input_reader input(data, size);
    const uint8_t flags = input.byte();
    const std::string user = input.text();
    const std::string new_text = input.text();
    const std::string_view database = input.rest();
    const name_match match = (flags & 4) != 0 ? name_match::exact : name_match::any_case;
    const record_layout layout =
        (flags & 8) != 0 ? record_layout::host_account : record_layout::list_account;

    // Any text may reach the field reader, also one that is no record at all.
    const std::string first_line(database.substr(0, database.find('\0')));
    account_record fields;
    read_record_fields(first_line.c_str(), flags >> 4, layout, &fields);
    require_fields_inside(first_line.c_str(), fields);

    const std::string &scratch = tvn_fuzz::scratch_directory();
    tvn_fuzz::empty_directory(scratch);
    const std::string path = scratch + database_name;
    tvn_fuzz::write_file(path, database);
    check_search(path, database, user, match, layout);

    const field_change change{
        path.c_str(),     user.c_str(), (flags & 1) != 0 ? 2 : 1, (flags & 2) != 0 ? ':' : '!',
        new_text.c_str(), match};
    check_replacement(scratch, database, change);
    return 0;
}
