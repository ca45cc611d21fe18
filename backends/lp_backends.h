// Builds every lookup back-end for the inventory's registry.
#pragma once

#include <memory>

#include "lp_inventory.h"

void lp_register_backends(lp_inventory_t& inventory);

// The LDAP connection pool of the inventory.
std::unique_ptr<lp_ldap_ties_t, lp_ldap_ties_delete_t> lp_make_ldap_ties(lp_inventory_t& inventory);
