#include "FuzzTranslator.h"

#include <HeifTranslator.h>

PELLARA_FUZZ_TRANSLATOR(heif_translator)
