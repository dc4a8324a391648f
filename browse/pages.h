// The catalogue's page handlers, called by the GET command table: the store list and a store's
// information, a store's departments and a department's products, and keyword search.
#pragma once

#include "shell/module.h"

void StoreListPage();      // "storelist"
void StoreInfoPage();      // "storeinfo"
void DeptListPage();       // "deptlist"
void ProdListPage();       // "prodlist"
void ProdInfoPage();       // "prodinfo"
void KeywordFormPage();    // "keyword"
MODULE_EXPORT void KeySearchResults(void);  // "ksearch"
