#!/bin/sh
# What the sandbox changes stays in it: accounts, /etc, /private, /Library.
set -eu
sandbox=$1
tag=vela-sandbox-probe-$$
files="/etc/$tag /private/var/db/$tag /Library/$tag"

"$sandbox" /bin/sh -eu -c "
  [ \"\$(stat -c '%u %a' /private /Library)\" = \"0 755
0 755\" ]
  groupadd -r -g 345 $tag
  useradd -r -u 345 -g 345 -M -s /usr/bin/false $tag
  getent passwd $tag >/dev/null
  mkdir -p /private/var/db
  for path in $files; do echo probe > \$path; done
"
for path in $files; do
  if [ -e "$path" ]; then echo "sandbox leaked $path" >&2; exit 1; fi
done
if getent passwd $tag >/dev/null || getent group $tag >/dev/null; then
  echo "sandbox leaked account $tag" >&2; exit 1
fi
# The command's exit status comes back out.
if "$sandbox" /bin/false; then echo "sandbox lost the exit status" >&2; exit 1; fi
echo ok
