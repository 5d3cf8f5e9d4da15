#include "FuzzTranslator.h"

#include <TiffTranslator.h>

PELLARA_FUZZ_TRANSLATOR(tiff_translator)
