#include "FuzzTranslator.h"

#include <ExrTranslator.h>

PELLARA_FUZZ_TRANSLATOR(exr_translator)
