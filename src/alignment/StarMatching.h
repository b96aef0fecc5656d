#pragma once

#include <utility>
#include <vector>

#include "alignment/TransformModel.h"

// Index pairs (into the reference list, into the frame list).
using StarPairs = std::vector<std::pair<int, int>>;

// Greedy nearest-neighbour pairing, reference stars in list order (brightest
// first): each takes the nearest frame star not yet taken, the lower index
// on a tie, and keeps it when it lies strictly nearer than 50 px. The frame
// stars are given already mapped into reference coordinates.
StarPairs pairNearest(const PointList& referenceStars, const PointList& mappedFrameStars);
