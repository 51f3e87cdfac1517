#include "IniReaderWriter.h"
