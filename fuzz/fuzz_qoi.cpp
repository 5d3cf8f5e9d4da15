#include "FuzzTranslator.h"

#include <QoiTranslator.h>

PELLARA_FUZZ_TRANSLATOR(qoi_translator)
