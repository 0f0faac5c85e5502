"""chatpipe's release tools: what a release is (archive), the PE and
Authenticode reading (pe, authenticode), making a release (make, behind
scripts/release) and checking a downloaded one against its commit (check,
behind scripts/check-release)."""
