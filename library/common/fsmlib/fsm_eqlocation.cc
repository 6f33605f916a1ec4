#include "fsm.h"
