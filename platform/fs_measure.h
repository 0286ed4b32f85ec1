// The space a directory tree takes: what a quota counts.
#pragma once

#include <atomic>
#include <cstdint>

// Sums the sizes of the plain files below root and counts them; symbolic
// links are not followed and count as nothing, nor do directories. A
// subdirectory that cannot be read is skipped and logged. Stops early, with
// 0, once *cancel (when given) becomes true. 1 on success; 0 when root
// itself cannot be read (logged).
int FsMeasureTree(const char* root, uint64_t* bytes, uint64_t* files,
                  const std::atomic<bool>* cancel = nullptr);
