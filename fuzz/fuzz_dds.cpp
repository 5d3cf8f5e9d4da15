#include "FuzzTranslator.h"

#include <DdsTranslator.h>

PELLARA_FUZZ_TRANSLATOR(dds_translator)
