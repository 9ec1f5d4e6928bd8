# socat in fork mode: one child per client, one echo backend (socat takes one); backlog 10 like dovra's.
exec socat TCP4-LISTEN:19005,bind=127.0.0.1,reuseaddr,fork,backlog=10 TCP4:127.0.0.2:19000
