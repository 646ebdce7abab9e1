#pragma once

#include <juce_core/juce_core.h>

// Walks a WAV or AIFF file's chunks as the framework's readers do, before one is made. True when a chunk
// would keep the reader working without end, for far longer than the bytes the file holds explain, or
// reading past its memory: a list that counts more entries than the file holds, a sub-chunk walk that runs
// off the end of the file, XML metadata the framework's parser expands, loops or recurses on without bound,
// AIFF category tags; and for an AIFF without a sound chunk, whose samples the reader would read from a
// position it never set. Other files give false.
bool chunksMisleadTheReader (const juce::File& file);
