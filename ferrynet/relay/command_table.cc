// The two dispatch tables. Adding a command or a reply rewrite is one row.
#include "ferrynet/data/pasv_rewrite.h"
#include "ferrynet/data/port_rewrite.h"
#include "ferrynet/relay/command_handlers.h"
#include "ferrynet/relay/feature_filter.h"
#include "ferrynet/relay/login_handlers.h"
#include "ferrynet/relay/path_routing.h"
#include "ferrynet/relay/command_table.h"
#include "ferrynet/relay/sections.h"
#include "ferrynet/relay/tls_commands.h"
#include "ferrynet/rewrite/reply_merge.h"

namespace ferrynet {

const ClientCommandRow ClientCommandTable[] = {
    {"PORT ", port_rewrite},
    {"LIST", listing_command},
    {"LIST ", listing_command},
    {"PASV", pasv_command},
    {"PWD", root_broadcast},
    {"FEAT", feature_command},
    {"CWD ", section_shortcut},
    {"CDUP", section_shortcut},
    {"USER ", login_command},
    {"SITE WHO", who_broadcast},
    {"SITE SSWHO", sswho_broadcast},
    {"PASS ", login_command},
    {"SITE ADDIP ", account_broadcast},
    {"SITE DELIP ", account_broadcast},
    {"SITE CHGRP ", account_broadcast},
    {"SITE PASSWD ", account_broadcast},
    {"SITE CHPASS ", account_broadcast},
    {"SITE GRPADD ", account_broadcast},
    {"SITE GRPDEL ", account_broadcast},
    {"SITE GADDUSER ", account_broadcast},
    {"SITE ADDUSER ", account_broadcast},
    {"SITE DELUSER ", account_broadcast},
    {"SITE PURGE ", account_broadcast},
    {"SITE CHANGE ", account_broadcast},
    {"SITE GIVE ", account_broadcast},
    {"SITE TAKE ", account_broadcast},
    {"SITE KICK ", account_broadcast},
    {"SITE TAGLINE ", account_broadcast},
    {"SITE ALUP", broadcast},
    {"SITE ALDN", broadcast},
    {"SITE WKUP", broadcast},
    {"SITE WKDN", broadcast},
    {"SITE DAYUP", broadcast},
    {"SITE DAYDN", broadcast},
    {"SITE MONTHUP", broadcast},
    {"SITE MONTHDN", broadcast},
    {"SITE STATINFO ", broadcast},
    // A client sets the transfer type once; every site must hold it, or a
    // binary file fetched after a move to another site's section arrives mangled.
    {"TYPE ", broadcast},
    {"AUTH ", auth_command},
    {"PBSZ ", pbsz_command},
    {"PROT ", prot_command},
    {"CCC", ccc_command},
    {"EPSV ALL", refuse_epsv_all},
    // After "EPSV ALL", which this prefix would also match.
    {"EPSV", epsv_command},
    {"EPSV ", epsv_command},
    {"EPRT ", eprt_rewrite},
    {"NLST", listing_command},
    {"NLST ", listing_command},
    {"MLSD", listing_command},
    {"MLSD ", listing_command},
    // A path names its site: a section's, or at the root level the first that
    // has the file (reads) or the current one (changes).
    {"REST ", rest_command},
    {"RETR ", fetch_command},
    {"STOR ", store_command},
    {"APPE ", store_command},
    {"STOU", store_command},
    {"PRET ", pre_transfer_command},
    {"SIZE ", read_command},
    {"MDTM ", read_command},
    {"MLST ", read_command},
    {"DELE ", change_command},
    {"RNFR ", change_command},
    {"RNTO ", rename_to_command},
    {"MKD ", change_command},
    {"XMKD ", change_command},
    {"RMD ", change_command},
    {"XRMD ", change_command},
    {"SITE CHMOD ", change_command},
    {"MFMT ", change_command},
};
const int ClientCommandCount = sizeof ClientCommandTable / sizeof ClientCommandTable[0];

const ServerReplyRow ServerReplyTable[] = {
    {230, "|PASS", login_completion},
    {230, "PASS ", login_step},
    {227, "PASV", pasv_rewrite},
    {250, "CWD ", directory_confirmed},
    {250, "CDUP", directory_confirmed},
    {200, "SITE WHO", who_merge},
    {200, "SITE SSWHO", sswho_merge},
    {200, "SITE WKUP", stats_merge},
    {200, "SITE WKDN", stats_merge},
    {200, "SITE DAYUP", stats_merge},
    {200, "SITE DAYDN", stats_merge},
    {200, "SITE MONTHUP", stats_merge},
    {200, "SITE MONTHDN", stats_merge},
    {200, "SITE STATINFO ", statinfo_merge},
    {211, "FEAT", feature_filter},
    // The sites were asked with PASV for the client's EPSV.
    {227, "EPSV", epsv_rewrite},
    {227, "EPSV ", epsv_rewrite},
    // IPv6 sites are asked with EPSV whatever the client sent.
    {229, "PASV", pasv_rewrite},
    {229, "EPSV", epsv_rewrite},
    {229, "EPSV ", epsv_rewrite},
};
const int ServerReplyCount = sizeof ServerReplyTable / sizeof ServerReplyTable[0];

}  // namespace ferrynet
