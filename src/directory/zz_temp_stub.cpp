bool db_unavailable() { return false; }  // TEMP
