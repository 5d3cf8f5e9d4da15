#include "FuzzTranslator.h"

#include <JpegTranslator.h>

PELLARA_FUZZ_TRANSLATOR(jpeg_translator)
