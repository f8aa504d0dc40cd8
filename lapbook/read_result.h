#ifndef LAPBOOK_READ_RESULT_H
#define LAPBOOK_READ_RESULT_H

namespace lapbook {

// Outcome of reading one record of a binary file. lapbook's routines treat a
// damaged record as the end of the file; the lister reports it.
enum class ReadResult {
  kRecord,   // a whole, well-formed record
  kEnd,      // the next length field could not be read whole
  kDamaged,  // a length beyond the file, a name without its zero, a short tail
};

}  // namespace lapbook

#endif
