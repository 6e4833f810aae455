# Wine's server, which the tests start and stop themselves. Debian links
# it onto PATH through its alternatives; where that link is missing, as
# Debian 13's Wine 10 can leave it, it is where Debian's packages keep it.
# Sourced.
command -v wineserver >/dev/null || PATH=$PATH:/usr/lib/wine
