// Builds every lookup back-end for the inventory's registry.
#pragma once

class lp_inventory_t;

void lp_register_backends(lp_inventory_t& inventory);
