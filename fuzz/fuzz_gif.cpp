#include "FuzzTranslator.h"

#include <GifTranslator.h>

PELLARA_FUZZ_TRANSLATOR(gif_translator)
