#include "velko.h"
