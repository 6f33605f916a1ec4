// Save-and-restore files: reading, restoring, comparing and saving equipment values.
#pragma once

#include <cstdio>
#include <vector>

#include "fsm.h"

// One item of a save-and-restore file.
struct sr_data {
    char* name_;   // address text, array-new
    char* value_;  // value text, array-new
    int type_;     // data type code
};

enum SrOption {
    SR_SET_FROM_FILE = 0,
    SR_ADD_FROM_DATA = 1,
    SR_SET_FROM_DATA = 2,
    SR_CHECK_CORRECT = 3,
    SR_COMP_CORRECT = 4,
    SR_COMP_NOT_CORRECT = 5,
};

enum OpFunc { No = 0, Max = 1, Min = 2, Delta = 3, Mean = 4, RMS = 5, Abs = 6, Sum = 7 };

FILE* open_file(char* file, velko::EqData* data);
int fill_list(char* file, velko::EqData* data, std::vector<sr_data*>** sr_data_p_);
int get_item(char* file, int i, sr_data** d_p_);
void clear_list(std::vector<sr_data*>* sr_data_p_);
void clear(std::vector<char*>* str_);
void file_lock(int fd);
void file_unlock(int fd);

int restore_all(char* file, velko::EqData* data, SrOption op, int stop, FSMstate* sp);
int compare_all(char* file, velko::EqData* data, SrOption op, int* stop);
float calc_data(OpFunc func, velko::EqData* data);

int sr_save(char* file, char* new_file, velko::EqData* data, FSMstate* sp);
int fill_struct(char* svr, std::vector<sr_data*>* sr_data_p_, int op);
