// tvnclient's remote path arithmetic: resolving typed paths and telling the areas, their
// roots and the paths outside them apart, as the server compares them.
#include <gtest/gtest.h>

#include "tvnclient/remote_path.h"

namespace {

using namespace tvnclient;

struct resolve_row {
    std::string cwd;
    std::string typed;
    std::string resolved;
};

TEST(client_remote_path, typed_paths_resolve_against_the_working_directory) {
    const std::vector<resolve_row> rows = {
        {"/", "Public", "/Public"},        {"/Public", "a//b/", "/Public/a/b"},
        {"/Public/a", "..", "/Public"},    {"/Public", "../../..", "/"},
        {"/Public", "/Web/./x", "/Web/x"}, {"/Public", "", "/Public"},
    };
    for (const resolve_row &row : rows)
        EXPECT_EQ(resolve_remote(row.cwd, row.typed), row.resolved) << row.cwd << " " << row.typed;
}

struct area_row {
    std::string path;
    std::string area;
    bool root;
};

TEST(client_remote_path, the_areas_and_their_roots_are_known_whatever_the_case) {
    const std::vector<area_row> rows = {
        {"/", "", true},       {"/Private", "Private", true},  {"/public", "Public", true},
        {"/WEB", "Web", true}, {"/Public/x", "Public", false}, {"/web/a/b", "Web", false},
        {"/Nope", "", false},  {"/Nope/x", "", false},         {"/PublicX", "", false},
        {"/Pub", "", false},
    };
    for (const area_row &row : rows) {
        EXPECT_EQ(area_of(row.path), row.area) << row.path;
        EXPECT_EQ(is_area_root(row.path), row.root) << row.path;
        EXPECT_EQ(outside_areas(row.path), row.area.empty()) << row.path;
    }
}

} // namespace
