// Carrying a source bitmap's extra data and metadata over to a bitmap the
// plug-in derived from it. Kept apart from the host-facing support functions:
// it touches only the two records.
#include "shell/host_services.h"

void CopyExtraData(const RawBitmap& source, RawBitmap& destination) {
  if (source.extraRef == 0) return;
  if (destination.operations != nullptr && destination.operations->SetExtraData != nullptr) {
    destination.operations->SetExtraData(&destination, source.extraData, source.extraRef,
                                         source.extraKind);
  }
  destination.extraValue = source.extraValue;
  destination.extraFlag = source.extraFlag;
}

void CopyMetadata(const RawBitmap& source, RawBitmap& destination) {
  destination.metadata1 = source.metadata1;
  destination.metadata2 = source.metadata2;
}
