#!/bin/sh
# What the sandbox changes stays in it: accounts, /etc, /private, /Library;
# its command's exit status comes back out.
set -eu
sandbox=$1
tag=vela-sandbox-probe-$$
files="/etc/$tag /private/var/db/$tag /Library/$tag"
"$sandbox" /bin/sh -eu -c "
  [ \"\$(stat -c '%u %a' /private /Library)\" = \"0 755
0 755\" ]
  groupadd -r -g 345 $tag && useradd -r -u 345 -g 345 -M -s /usr/bin/false $tag
  mkdir -p /private/var/db
  for path in $files; do echo probe > \$path; done
"
for path in $files; do [ ! -e "$path" ] || { echo "sandbox leaked $path" >&2; exit 1; }; done
! getent passwd $tag >/dev/null && ! getent group $tag >/dev/null || { echo "sandbox leaked $tag" >&2; exit 1; }
! "$sandbox" /bin/false || { echo "sandbox lost the exit status" >&2; exit 1; }
echo ok
