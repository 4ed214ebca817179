// Whom tvnadduser gives the new directories: the service account of the list-account module.
#pragma once

#include "aux_adduser.h"

// Reads "TvnUser" and "TvnGroup" of the section "mod_virtual_users" in root_dir followed by
// "/conf/tolvane.conf" (a missing file or section means the defaults) and stores their ids in
// the account. The ids are the ones the module switches to: the user "nobody" and its primary
// group stand in for an absent value and for root or its group. False after a message.
bool set_id(const char *root_dir, new_account &account);
