// Private to the library: registering its machine describer with the platform.
#pragma once

// Lets the server describe the machines of this process's FSM locations; called when the first
// location is created.
void fsm_register_describer();
