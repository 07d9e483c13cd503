// Hash.h - a 64-bit hash of bytes that may arrive in pieces: the same bytes
// give the same value however they are split. It tells whether bytes are
// the ones recorded earlier (a page of a photo, the content of a copy); it
// is no protection against someone who forges bytes on purpose.
#pragma once

#include <cstddef>
#include <cstdint>

struct HashState {
    uint64_t value;
    uint64_t carry;     // the bytes of a word not yet complete
    uint32_t carried;   // how many (0..7)
    uint64_t length;    // bytes added so far
};

// HashBegin - an empty state.
void HashBegin(HashState* state);
// HashAdd - appends `count` bytes.
void HashAdd(HashState* state, const void* bytes, size_t count);
// HashEnd - the value of everything added; the state is left as it was.
uint64_t HashEnd(const HashState* state);
// HashBytes - the value of `count` bytes at once.
uint64_t HashBytes(const void* bytes, size_t count);
