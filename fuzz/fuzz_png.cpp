#include "FuzzTranslator.h"

#include <PngTranslator.h>

PELLARA_FUZZ_TRANSLATOR(png_translator)
