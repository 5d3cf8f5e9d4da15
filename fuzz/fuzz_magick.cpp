#include "FuzzTranslator.h"

#include <MagickTranslator.h>

PELLARA_FUZZ_TRANSLATOR(magick_translator)
