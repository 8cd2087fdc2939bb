// The Draco decoder of the glTF reader (gltf/draco.h), as the tools install it: the package's
// vertisift_tools.draco.decode(), with the interpreter lock taken back for the call.
#pragma once

namespace vertisift::tools {

// Installs the decoder; done once as the module loads.
void install_draco_decoder();

}  // namespace vertisift::tools
