// What a soak client does inside an owner's session: uploads through a part file renamed when
// complete (as the command-line client does), downloads compared byte for byte, listings
// compared with what it put there, copies on the server and deletions.
#include <algorithm>
#include <cstring>

#include "seeded_content.h"
#include "soak_session.h"
#include "tolvane/listing.h"

namespace tvnsoak {

using tvn_test::content_checksum;
using tvn_test::fill_content;

std::uint32_t client_run::piece_size() {
    const auto kind = draw(10);
    if (kind < 7) return TVN_MAX_TRANSFER;
    if (kind < 9) return 65536;
    return std::uint32_t(1 + draw(TVN_MAX_TRANSFER));
}

std::size_t client_run::file_size() {
    const auto kind = draw(100);
    if (kind == 0) return 0;
    if (kind < 55) return std::size_t(draw(64 * 1024));
    if (kind < 90) return std::size_t(64 * 1024 + draw(960 * 1024));
    return std::size_t((1 << 20) + draw(3 << 20));
}

bool client_run::make_directories(tvn_client::connection &link) {
    for (const client_area &area : state.areas) {
        const std::string what = "MKDIR " + area.remote_dir;
        if (!ask(link, tvn_client::mkdir_request(area.remote_dir).build(), MKDIR, what) ||
            !expect(MKDIR, OK, TVN_ANSWER_PLAIN, what))
            return false;
    }
    state.directories_made = true;
    return true;
}

// A WRITE packet built in place: the header, then the content's bytes made right behind it.
bool client_run::write_piece(tvn_client::connection &link, std::uint32_t handle,
                             std::size_t position, std::uint32_t length, std::uint64_t seed,
                             const std::string &what) {
    tvn_client::packet_builder(WRITE)
        .put_u32(0)
        .put_u32(handle)
        .put_i32(std::int32_t(position))
        .put_u32(length)
        .body_length(length)
        .build_into(packet_);
    const std::size_t header = packet_.size();
    packet_.resize(header + length);
    fill_content(seed, position, {packet_.data() + header, length});
    if (!ask(link, packet_, WRITE, what) || !expect(WRITE, OK, TVN_ANSWER_COUNT, what))
        return false;
    const auto count = answer_.param_u32(4);
    if (count != length) {
        error(what + ": wrote " + std::to_string(count.value_or(0)) + " of " +
              std::to_string(length) + " bytes");
        return false;
    }
    context.counts.bytes_up += length;
    return true;
}

// The part is complete: closed, then renamed to its final name.
bool client_run::settle_part(tvn_client::connection &link, std::uint32_t handle,
                             const std::string &part, const std::string &final_path) {
    const std::string closing = "CLOSE " + part;
    if (!ask(link, tvn_client::close_request(handle).build(), CLOSE, closing) ||
        !expect(CLOSE, OK, TVN_ANSWER_PLAIN, closing))
        return false;
    const std::string renaming = "RENAME " + part;
    return ask(link, tvn_client::rename_request(part, final_path).build(), RENAME, renaming) &&
           expect(RENAME, OK, TVN_ANSWER_PLAIN, renaming);
}

bool client_run::upload(tvn_client::connection &link, client_area &area) {
    while (area.files.size() >= files_per_area)
        if (!remove(link, area, 0)) return false;
    stored_file file;
    file.name = "f" + std::to_string(state.next_name++);
    file.seed = random_();
    file.size = file_size();
    const std::string final_path = area.remote_dir + "/" + file.name;
    const std::string part = final_path + ".tvnpart";
    const std::string opening = "OPEN " + part;
    const std::uint32_t mode = tvn_client::open_mode::write_only | tvn_client::open_mode::create |
                               tvn_client::open_mode::truncate_file;
    if (!ask(link, tvn_client::open_request(part, mode).build(), OPEN, opening) ||
        !expect(OPEN, OK, TVN_ANSWER_OPEN, opening))
        return false;
    const std::uint32_t handle = answer_.param_u32(4).value_or(0);
    if (answer_.param_u32(8) != 0u) {
        error(opening + ": a truncated part has size " + std::to_string(*answer_.param_u32(8)));
        return false;
    }
    const std::uint32_t piece = piece_size();
    for (std::size_t position = 0; position < file.size;) {
        const auto length = std::uint32_t(std::min<std::size_t>(piece, file.size - position));
        if (!write_piece(link, handle, position, length, file.seed, "WRITE " + part)) return false;
        position += length;
    }
    if (!settle_part(link, handle, part, final_path)) return false;
    file.checksum = tvn_test::checksum_of_content(file.seed, file.size);
    area.files.push_back(file);
    ++context.counts.uploads;
    return true;
}

bool client_run::download(tvn_client::connection &link, const stored_file &file,
                          const client_area &area) {
    const std::string path = area.remote_dir + "/" + file.name;
    const std::string opening = "OPEN " + path;
    if (!ask(link, tvn_client::open_request(path, tvn_client::open_mode::read_only).build(), OPEN,
             opening) ||
        !expect(OPEN, OK, TVN_ANSWER_OPEN, opening))
        return false;
    const std::uint32_t handle = answer_.param_u32(4).value_or(0);
    if (answer_.param_u32(8) != std::uint32_t(file.size)) {
        error(opening + ": size " + std::to_string(answer_.param_u32(8).value_or(0)) +
              ", uploaded " + std::to_string(file.size));
        return false;
    }
    content_checksum sum;
    const std::uint32_t piece = piece_size();
    const std::string reading = "READ " + path;
    // Up to the end, then one read past it, which must bring nothing.
    for (std::size_t position = 0;;) {
        const std::size_t wanted = std::min<std::size_t>(piece, file.size - position);
        if (!ask(link,
                 tvn_client::read_request(handle, std::int32_t(position), std::int32_t(piece))
                     .build(),
                 READ, reading) ||
            !expect(READ, OK, TVN_ANSWER_PLAIN, reading))
            return false;
        const auto body = answer_.body();
        if (body.size() != wanted) {
            error(reading + ": " + std::to_string(body.size()) + " bytes at " +
                  std::to_string(position) + ", wanted " + std::to_string(wanted));
            return false;
        }
        if (wanted == 0) break;
        expected_.resize(wanted);
        fill_content(file.seed, position, expected_);
        if (std::memcmp(body.data(), expected_.data(), wanted) != 0) {
            error(reading + ": the bytes at " + std::to_string(position) +
                  " differ from those uploaded");
            return false;
        }
        sum.update(body);
        context.counts.bytes_down += wanted;
        position += wanted;
    }
    if (sum.value() != file.checksum) {
        error(reading + ": the checksum differs from the upload's");
        return false;
    }
    const std::string closing = "CLOSE " + path;
    if (!ask(link, tvn_client::close_request(handle).build(), CLOSE, closing) ||
        !expect(CLOSE, OK, TVN_ANSWER_PLAIN, closing))
        return false;
    ++context.counts.downloads;
    return true;
}

bool client_run::list(tvn_client::connection &link, const client_area &area) {
    const std::string what = "GETDIR " + area.remote_dir;
    if (!ask(link, tvn_client::getdir_request(area.remote_dir).build(), GETDIR, what) ||
        !expect(GETDIR, OK, TVN_ANSWER_PLAIN, what))
        return false;
    const auto entries = tvn_client::parse_listing(answer_.body(), true);
    if (!entries) {
        error(what + ": the listing does not parse");
        return false;
    }
    std::vector<std::pair<std::string, std::size_t>> listed, wanted;
    for (const auto &entry : *entries)
        listed.emplace_back(entry.name + (entry.is_dir ? "/" : ""), entry.size);
    for (const auto &file : area.files) wanted.emplace_back(file.name, file.size);
    std::sort(listed.begin(), listed.end());
    std::sort(wanted.begin(), wanted.end());
    if (listed != wanted) {
        std::string names;
        for (const auto &[name, size] : listed) names += " " + name + ":" + std::to_string(size);
        error(what + ": lists" + (names.empty() ? " nothing" : names) + ", wanted " +
              std::to_string(wanted.size()) + " files");
        return false;
    }
    ++context.counts.listings;
    return true;
}

bool client_run::copy(tvn_client::connection &link, client_area &area) {
    if (area.files.empty()) return true;
    while (area.files.size() >= files_per_area)
        if (!remove(link, area, 0)) return false;
    const client_area &source_area = state.areas[draw(2)];
    if (source_area.files.empty()) return true;
    stored_file file = source_area.files[draw(source_area.files.size())];
    const std::string source = source_area.remote_dir + "/" + file.name;
    file.name = "f" + std::to_string(state.next_name++);
    const std::string final_path = area.remote_dir + "/" + file.name;
    const std::string part = final_path + ".tvnpart";
    const std::string opening = "OPEN " + part;
    const std::uint32_t mode = tvn_client::open_mode::write_only | tvn_client::open_mode::create |
                               tvn_client::open_mode::truncate_file;
    if (!ask(link, tvn_client::open_request(part, mode).build(), OPEN, opening) ||
        !expect(OPEN, OK, TVN_ANSWER_OPEN, opening))
        return false;
    const std::uint32_t handle = answer_.param_u32(4).value_or(0);
    const std::string copying = "COPYFILE " + source + " to " + part;
    for (std::size_t position = 0; position < file.size;) {
        const auto length =
            std::uint32_t(std::min<std::size_t>(TVN_MAX_TRANSFER, file.size - position));
        if (!ask(link,
                 tvn_client::copyfile_request(handle, std::int32_t(position), std::int32_t(length),
                                              source)
                     .build(),
                 COPYFILE, copying) ||
            !expect(COPYFILE, OK, TVN_ANSWER_COUNT, copying))
            return false;
        if (answer_.param_u32(4) != length) {
            error(copying + ": copied " + std::to_string(answer_.param_u32(4).value_or(0)) +
                  " of " + std::to_string(length) + " bytes at " + std::to_string(position));
            return false;
        }
        context.counts.bytes_copied += length;
        position += length;
    }
    if (!settle_part(link, handle, part, final_path)) return false;
    area.files.push_back(file);
    ++context.counts.copies;
    return true;
}

bool client_run::remove(tvn_client::connection &link, client_area &area, std::size_t index) {
    const std::string path = area.remote_dir + "/" + area.files[index].name;
    const std::string what = "DELETE " + path;
    if (!ask(link, tvn_client::delete_request(path).build(), DELETE, what) ||
        !expect(DELETE, OK, TVN_ANSWER_PLAIN, what))
        return false;
    area.files.erase(area.files.begin() + std::ptrdiff_t(index));
    ++context.counts.deletes;
    return true;
}

bool client_run::guest_refusals(tvn_client::connection &link, const client_area &area) {
    const std::string writing = area.remote_dir + "/by-guest";
    const std::string opening = "OPEN " + writing + " as a guest";
    const std::uint32_t mode = tvn_client::open_mode::write_only | tvn_client::open_mode::create;
    if (!ask(link, tvn_client::open_request(writing, mode).build(), OPEN, opening) ||
        !expect(OPEN, ACCESS_DENIED, TVN_ANSWER_ERROR, opening))
        return false;
    const std::string listing = "GETDIR /Private as a guest";
    return ask(link, tvn_client::getdir_request("/Private").build(), GETDIR, listing) &&
           expect(GETDIR, ACCESS_DENIED, TVN_ANSWER_ERROR, listing);
}

} // namespace tvnsoak
