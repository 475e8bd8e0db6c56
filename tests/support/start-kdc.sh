#!/usr/bin/env bash
# A throwaway Kerberos realm HBR.TEST for tests, on 127.0.0.1:PORT (TCP), everything in DIR:
# krb5.conf (KRB5_CONFIG for clients and the instance), http.keytab (KRB5_KTNAME: the service
# HTTP/localhost), a user principal with a password and its ticket in DIR/ccache (KRB5CCNAME).
# krb5kdc runs in the background; its pid is in DIR/kdc.pid. Usage: start-kdc.sh DIR PORT [USER PASSWORD]
set -euo pipefail
dir=$1 port=$2 user=${3:-dave} password=${4:-Secret5}
cat > "$dir/krb5.conf" <<CONF
[libdefaults]
 default_realm = HBR.TEST
 dns_lookup_kdc = false
 dns_lookup_realm = false
 rdns = false
 dns_canonicalize_hostname = false
 udp_preference_limit = 1
[realms]
 HBR.TEST = {
  kdc = 127.0.0.1:$port
 }
[domain_realm]
 localhost = HBR.TEST
CONF
cat > "$dir/kdc.conf" <<CONF
[kdcdefaults]
 kdc_listen = 127.0.0.1:$port
 kdc_tcp_listen = 127.0.0.1:$port
[realms]
 HBR.TEST = {
  database_name = $dir/principal
  key_stash_file = $dir/stash
  acl_file = $dir/kadm5.acl
 }
[logging]
 kdc = FILE:$dir/kdc.log
CONF
export KRB5_CONFIG="$dir/krb5.conf" KRB5_KDC_PROFILE="$dir/kdc.conf"
kdb5_util create -s -r HBR.TEST -P "kdc-master-$$" >/dev/null
kadmin.local -r HBR.TEST -q "addprinc -pw $password $user" >/dev/null 2>&1
kadmin.local -r HBR.TEST -q "addprinc -randkey HTTP/localhost" >/dev/null 2>&1
kadmin.local -r HBR.TEST -q "ktadd -k $dir/http.keytab HTTP/localhost" >/dev/null 2>&1
krb5kdc -P "$dir/kdc.pid"
# The KDC answers once its socket is up: the first ticket proves it.
for _ in $(seq 100); do
  if echo "$password" | KRB5CCNAME="FILE:$dir/ccache" kinit "$user" >/dev/null 2>&1; then exit 0; fi
  sleep 0.1
done
echo "start-kdc.sh: no ticket from the KDC on port $port" >&2
exit 1
