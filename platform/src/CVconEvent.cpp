#include "CVconEvent.h"
