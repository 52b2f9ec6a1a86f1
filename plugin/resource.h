// Resource identifiers of npZanSetupOneClick.
#pragma once

#define IDS_PROJNAME 100
