#include "gltf/draco.h"

#include <atomic>

namespace vertisift::gltf {
namespace {

std::atomic<DracoDecoder> installed{nullptr};

}  // namespace

void set_draco_decoder(DracoDecoder decoder) { installed.store(decoder); }

DracoDecoder draco_decoder() { return installed.load(); }

}  // namespace vertisift::gltf
