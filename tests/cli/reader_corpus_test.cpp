// The image readers' fuzz corpus, replayed by the normal suite: valid
// seeds of every layout, and the damaged headers that once made the tool
// take gigabytes and abort.
#include "fuzz/corpus_replay.h"

namespace lumeno::fuzz {
namespace {

TEST(CorpusReplay, ImageReaders) { ReplayCorpus("image_readers", FuzzImageReaders); }

}  // namespace
}  // namespace lumeno::fuzz
