// The media cache of notification attachments.
#include "push/reraviror.h"

namespace push {

void RerAviror::clearCachedMedia() {}

}  // namespace push
