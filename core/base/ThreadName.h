#pragma once
// Names the calling thread as `top -H`, `ps -L` and profilers show it, so
// that a station's CPU can be told apart by thread ("tav recv 12", "tav
// processing"). Longer names are cut to the 15 bytes Linux keeps.
namespace tav {

void NameThisThread(const char *name);

}  // namespace tav
