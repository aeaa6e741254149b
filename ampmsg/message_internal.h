// Library-internal: shared by the request builders, not part of the API.
#ifndef ZP_AMPMSG_MESSAGE_INTERNAL_H
#define ZP_AMPMSG_MESSAGE_INTERNAL_H

#include <cstdint>

#include "ampmsg/message.h"

// A live AmpMessage with `length` zeroed message bytes and the given
// reply_length; null with code 14 when memory runs out or length < 0.
// Leaves `err` alone on success.
AmpMessage* amp_message_alloc(int32_t length, int32_t reply_length, int* err);

#endif
