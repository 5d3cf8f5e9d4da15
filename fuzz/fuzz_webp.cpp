#include "FuzzTranslator.h"

#include <WebpTranslator.h>

PELLARA_FUZZ_TRANSLATOR(webp_translator)
