#include "sr_func.h"
