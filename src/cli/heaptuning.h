#pragma once

// Sets up the allocator for a run over many files, each held whole in memory several times
// over. Call once, first thing in main, before any thread starts.
void tuneHeapForWholeFiles();
