// What a root listing carries, so the merge knows where each line's name is.
#pragma once

namespace ferrynet {

// Held in a std::atomic<int> shared by the relay (which learns the kind from
// the listing command) and the bounce (which was started before it came).
enum ListingKind : int {
  kListingLong = 0,   // LIST: the name from column 55
  kListingNames = 1,  // NLST: the whole line is the name
  kListingFacts = 2,  // MLSD: the name follows the first "; "
};

}  // namespace ferrynet
