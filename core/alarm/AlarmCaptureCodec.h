#pragma once
// The compact, lossless form a waveform packet takes in a pre-trigger ring.
// Packets come back byte for byte as the sensor sent them, so a capture made
// from the ring is the same file it would be from the raw bytes.
//
// Each packet is packed on its own (a ring drops its oldest packets one by
// one): its header and end marker as they are, then per axis the first
// sample's bits and the other 115 as differences from the sample before,
// bit-packed at the width most of them need; the few wider ones (a change of
// sign or exponent) follow in full. A packet that would not get smaller is
// kept as it is behind a one-byte tag. Nothing here allocates: it runs on the
// parser threads.
#include <cstdint>

#include "core/net/SensorFrame.h"

namespace tav {

// The most a packed packet takes: the tag and the packet as it is.
constexpr uint32_t kMaxPackedPacketBytes = kPacketSize + 1;

// Packs the kPacketSize bytes at `packet` into `out` (room for
// kMaxPackedPacketBytes); returns the bytes written.
uint32_t PackPacket(const uint8_t *packet, uint8_t *out);
// PackPacket runs eight lanes wide where the processor has AVX2, with the
// same result. For tests: true keeps it to the x86-64 baseline's four lanes,
// false goes back to the fastest.
void UseBaselinePacking(bool baseline);
// Unpacks what PackPacket wrote into kPacketSize bytes at `packet`; false
// when `bytes` are not a packed packet (nothing trusted then).
bool UnpackPacket(const uint8_t *packed, uint32_t bytes, uint8_t *packet);

}  // namespace tav
