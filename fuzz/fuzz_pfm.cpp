#include "FuzzTranslator.h"

#include <PfmTranslator.h>

PELLARA_FUZZ_TRANSLATOR(pfm_translator)
