// The text of tvnmount --help.
#pragma once

namespace tvnmount {

const char *mount_manual();

} // namespace tvnmount
