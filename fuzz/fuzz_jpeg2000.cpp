#include "FuzzTranslator.h"

#include <Jpeg2000Translator.h>

PELLARA_FUZZ_TRANSLATOR(jpeg2000_translator)
