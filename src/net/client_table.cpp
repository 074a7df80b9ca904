#include "net/client_table.h"

ClientTable clientTable = {};
