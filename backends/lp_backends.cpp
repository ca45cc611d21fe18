// Builds every lookup back-end for the inventory's registry, and its LDAP pool.

#include "db/lp_mysql_client.h"
#include "db/lp_pq_client.h"
#include "db/lp_redis_client.h"
#include "db/lp_sqlite_client.h"
#include "ldap/lp_ad_client.h"
#include "ldap/lp_ldap_client.h"
#include "ldap/lp_ldap_ties.h"
#include "lists/lp_allmatch_client.h"
#include "lists/lp_cidr_client.h"
#include "lists/lp_mask_client.h"
#include "lists/lp_regex_client.h"
#include "lp_inventory.h"
#include "trawld_client_ipc.pb.h"

void lp_register_backends(lp_inventory_t& inventory)
{
    auto& clients = inventory.clients;
    clients[lp::LOOKUP_LDAP].reset(new lp_ldap_client_t(inventory));
    clients[lp::LOOKUP_AD].reset(new lp_ad_client_t(inventory));
    clients[lp::LOOKUP_PQ].reset(new lp_pq_client_t(inventory));
    clients[lp::LOOKUP_SQLITE].reset(new lp_sqlite_client_t(inventory));
    clients[lp::LOOKUP_MYSQL].reset(new lp_mysql_client_t(inventory));
    clients[lp::LOOKUP_REDIS].reset(new lp_redis_client_t(inventory));
    clients[lp::LOOKUP_ALLMATCH].reset(new lp_allmatch_client_t(inventory));
    clients[lp::LOOKUP_REGEX].reset(new lp_regex_client_t(inventory));
    clients[lp::LOOKUP_CIDR].reset(new lp_cidr_client_t(inventory));
    clients[lp::LOOKUP_MASK].reset(new lp_mask_client_t(inventory));
}

std::unique_ptr<lp_ldap_ties_t, lp_ldap_ties_delete_t> lp_make_ldap_ties(lp_inventory_t& inventory)
{
    return std::unique_ptr<lp_ldap_ties_t, lp_ldap_ties_delete_t>(new lp_ldap_ties_t(inventory));
}

void lp_ldap_ties_delete_t::operator()(lp_ldap_ties_t* ties) const noexcept
{
    delete ties;
}

lp_ldap_client_t* lp_inventory_t::ldap_client()
{
    return static_cast<lp_ldap_client_t*>(get_client(lp::LOOKUP_LDAP));
}
