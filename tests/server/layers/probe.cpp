// Included from a layer's own sources: builds only when that layer may see the header.
#include KESTRUNE_PROBE_HEADER
