// Until the data bouncer lands, root transfers pass as ordinary replies.
#include "ferrynet/data/pasv_rewrite.h"
#include "ferrynet/data/port_rewrite.h"

namespace ferrynet {
int pasv_rewrite(Client&, ReplyBuffer&, RelayState&) { return kReplyForward; }
int port_rewrite(Client&, char*, RelayState&) { return kCommandForward; }
}  // namespace ferrynet
