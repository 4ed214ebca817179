// Path arithmetic on the kernel's paths.
#include <gtest/gtest.h>

#include "mount_paths.h"

namespace {

using namespace tvnmount;

TEST(tvnmount_paths, parents_names_and_children) {
    EXPECT_EQ(parent_of("/Private/a/b"), "/Private/a");
    EXPECT_EQ(parent_of("/Private"), "/");
    EXPECT_EQ(name_of("/Private/a/b"), "b");
    EXPECT_EQ(name_of("/Web"), "Web");
    EXPECT_EQ(child_of("/", "Web"), "/Web");
    EXPECT_EQ(child_of("/Public/x", "y"), "/Public/x/y");
}

TEST(tvnmount_paths, within_means_the_directory_itself_or_below_it) {
    EXPECT_TRUE(is_within("/Private/a", "/Private/a"));
    EXPECT_TRUE(is_within("/Private/a/b", "/Private/a"));
    EXPECT_FALSE(is_within("/Private/ab", "/Private/a"));
    EXPECT_FALSE(is_within("/Private", "/Private/a"));
    EXPECT_TRUE(is_within("/Web/x", "/"));
}

TEST(tvnmount_paths, areas_are_named_exactly_as_the_server_lists_them) {
    EXPECT_EQ(area_of("/Private/a"), area::private_area);
    EXPECT_EQ(area_of("/Public"), area::public_area);
    EXPECT_EQ(area_of("/Web/index.html"), area::web_area);
    EXPECT_EQ(area_of("/"), area::none);
    EXPECT_EQ(area_of("/private/a"), area::none);
    EXPECT_EQ(area_of("/PublicX/a"), area::none);
    EXPECT_TRUE(is_area_root("/Web"));
    EXPECT_FALSE(is_area_root("/Web/a"));
    EXPECT_FALSE(is_area_root("/"));
}

} // namespace
