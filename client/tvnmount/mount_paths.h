// Paths as the kernel hands them to the mount: absolute, "/" alone for the root, no "." or
// ".." components, no trailing "/". They are the server's client paths as they stand.
#pragma once

#include <string>
#include <string_view>

namespace tvnmount {

// "/Private/a/b" -> "/Private/a"; "/Private" -> "/".
std::string parent_of(std::string_view path);
// "/Private/a/b" -> "b".
std::string_view name_of(std::string_view path);
// "/Private/a" + "b" -> "/Private/a/b"; "/" + "Web" -> "/Web".
std::string child_of(std::string_view directory, std::string_view name);
// True when `path` is `directory` itself or lies below it.
bool is_within(std::string_view path, std::string_view directory);

// The three areas as the server lists them; the kernel only ever looks up these names.
enum class area { none = -1, private_area = 0, public_area = 1, web_area = 2 };
// The area a path lies in; none for "/" and anything outside the three.
area area_of(std::string_view path);
// "/Private", "/Public" and "/Web" themselves.
bool is_area_root(std::string_view path);

} // namespace tvnmount
