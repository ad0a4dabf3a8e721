// Internal header: included by the C interface's adapter and by its tests.
//
// The C interface obtains its two blocks (the handle and the encoder core)
// through a pair of memory functions, so that a test can make that fail and
// see ZUVO_MPA_ERROR_OUT_OF_MEMORY. The exported zuvo_mpa_create passes the
// ordinary heap; nothing here is reachable from a host.
#pragma once

#include <cstddef>

#include "zuvo_mpa.h"

namespace zuvo {

struct HostMemory {
    void* (*obtain)(std::size_t size);  // null when the memory is not available
    void (*give_back)(void* block);
};

// zuvo_mpa_create with the given memory functions; the encoder keeps them for
// its later blocks (zuvo_mpa_reset) and for zuvo_mpa_destroy.
zuvo_mpa_encoder* create_c_encoder(const zuvo_mpa_settings* settings, int* error, const HostMemory& memory);
// zuvo_mpa_create_with_config likewise.
zuvo_mpa_encoder* create_c_encoder(const zuvo_mpa_config* config, int* error, const HostMemory& memory);

}  // namespace zuvo
