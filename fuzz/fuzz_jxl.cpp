#include "FuzzTranslator.h"

#include <JxlTranslator.h>

PELLARA_FUZZ_TRANSLATOR(jxl_translator)
