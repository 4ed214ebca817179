// What the account modules have in common: their configuration (domain_config.h), the login
// (login.h, profile.h), the password change (password_change.h) and the module record they
// fill (module_record.h). The modules differ in where the owner password lives and whose
// identity the worker takes on.
#pragma once

#include "domain_config.h"
#include "login.h"
#include "module_record.h"
#include "name_list.h"
#include "password_change.h"
#include "profile.h"
