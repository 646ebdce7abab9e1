#pragma once

#include <juce_core/juce_core.h>

// Walks a WAV or AIFF file's chunks as the framework's readers do, before one is made. True when a chunk
// would keep the reader working without end, or for far longer than the bytes the file holds explain: a
// list that counts more entries than the file holds, a sub-chunk walk that runs off the end of the file,
// XML metadata the framework's parser expands or recurses on without bound. Other files give false.
bool chunksStallTheReader (const juce::File& file);
