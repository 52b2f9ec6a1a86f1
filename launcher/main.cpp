// ZanSetupSH: starts the setup program again with administrator rights.
// Its elevation manifest and body come with the launcher work; for now it
// only builds and ends.
int wmain() { return 0; }
