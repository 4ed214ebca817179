// Which names tolvane.so exports: the library is built with hidden symbols, and only the entry
// points, dispatchers, pools and os_ layer that other code may bind to are marked.
#pragma once

#define TVN_EXPORT __attribute__((visibility("default")))
