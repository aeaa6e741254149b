// Library-internal: shared by the request builders and the reply decoders,
// not part of the API.
#ifndef ZP_AMPMSG_MESSAGE_INTERNAL_H
#define ZP_AMPMSG_MESSAGE_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "ampmsg/message.h"

// A live AmpMessage with `length` zeroed message bytes and the given
// reply_length; null with AMP_ERR_NO_MEMORY when memory runs out or
// length < 0. Leaves `err` alone on success.
AmpMessage* amp_message_alloc(int32_t length, int32_t reply_length, int* err);

// Every record and scratch buffer of the library is allocated and released
// here (through the project's allocation point, midi/fault.h).
void* amp_alloc(size_t size);
void amp_release(void* block);

#endif
