// The velko server platform: values, addresses, remote calls, locations, properties, archive, server.
#pragma once

#include "atomic_file.h"
#include "config.h"
#include "d_fct.h"
#include "eq_adr.h"
#include "eq_call.h"
#include "eq_data.h"
#include "eq_fct.h"
#include "history.h"
#include "locations.h"
#include "machine_view.h"
#include "properties.h"
#include "server.h"
#include "velko_types.h"
