#pragma once
// The process's open-file limit, which caps how many connections it can hold at once.

// Raises the soft limit on open descriptors to the hard one (a desktop's soft limit is often
// 1,024, far below what the host allows) and returns the limit now in force.
long raiseDescriptorLimit();
