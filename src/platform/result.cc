#include "platform/result.h"

#include "platform/system.h"

namespace qrl {

Error Error::os(int code) { return Error(code, platform::os_error_text(code)); }

}  // namespace qrl
