// Until the merges land, these replies pass as ordinary replies.
#include "ferrynet/rewrite/reply_merge.h"

namespace ferrynet {
int who_merge(Client&, ReplyBuffer&, RelayState&) { return kReplyForward; }
int sswho_merge(Client&, ReplyBuffer&, RelayState&) { return kReplyForward; }
int stats_merge(Client&, ReplyBuffer&, RelayState&) { return kReplyForward; }
int statinfo_merge(Client&, ReplyBuffer&, RelayState&) { return kReplyForward; }
}  // namespace ferrynet
