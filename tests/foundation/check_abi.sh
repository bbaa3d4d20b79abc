#!/bin/sh
# The plug-in's bond to the host library: libnoru.so.1 is a needed library, the plug-in
# imports from it nothing beyond the host's documented symbols, and every host library
# given exports all of them.
# Usage: check_abi.sh libuniversal_robot.so our-libnoru.so.1 [another libnoru.so.1 ...]
set -u
plugin=$1
standin=$2
shift
status=0
allowed=$(mktemp)
trap 'rm -f "$allowed"' EXIT

cat >"$allowed" <<'LIST'
DatabaseColumnStructure::DatabaseColumnStructure(QString, DataType, int, QString, QString)
DatabaseColumnStructure::insertSelectionValues(QString, QString)
PluginInterface::PluginInterface()
PluginInterface::addPluginItem(ItemInstancePlugin*)
PluginInterface::getNetworkInterfaces()
PluginInterface::getPluginDevices()
PluginInterface::getPluginItem(QString, ItemInstancePlugin*)
PluginInterface::getSetting(QString)
PluginInterface::initPlugin(QString, unsigned int, QList<DatabaseColumnStructure>, QList<DatabaseColumnStructure>, QList<DatabaseColumnStructure>, QList<DatabaseColumnStructure>, PluginInitOptions const&)
PluginInterface::logDebug(QString)
PluginInterface::logError(QString)
PluginInterface::logInfo(QString)
PluginInterface::logWarning(QString)
PluginInterface::reloadPlugins()
PluginInterface::watchdogAddHeartbeat(DeviceInstancePlugin*)
PluginInterface::~PluginInterface()
LIST

if ! readelf -d "$plugin" | grep -q 'NEEDED.*\[libnoru\.so\.1\]'; then
    echo "FAIL: $plugin does not name libnoru.so.1 as a needed library"
    status=1
fi

exported() { nm -D --defined-only "$1" | awk '{ print $3 }' | c++filt | sort -u; }

# Versioned imports come from Qt, glibc, libstdc++ and libgcc, and weak ones are optional.
# Of the rest, a host import is one that our host library exports (the plug-in links with
# --no-undefined, so it can import nothing else from it) or one that names a host type.
standinExports=$(exported "$standin")
imports=$(nm -D --undefined-only "$plugin" | awk '$1 == "U" { print $2 }' | grep -v '@' |
          c++filt | sort -u |
          while IFS= read -r symbol; do
              if echo "$standinExports" | grep -qxF "$symbol" ||
                 echo "$symbol" | grep -qE 'PluginInterface|DatabaseColumnStructure|InstancePlugin|DataItem|LogList|PluginInitOptions|NetworkInterfaceInstance|NORUInterface'; then
                  echo "$symbol"
              fi
          done)
if [ -z "$imports" ]; then
    echo "FAIL: $plugin imports nothing from the host library"
    status=1
fi
echo "$imports" | while IFS= read -r symbol; do
    [ -z "$symbol" ] && continue
    if ! grep -qxF "$symbol" "$allowed"; then
        echo "FAIL: $plugin imports $symbol, which the host library does not promise"
        exit 1
    fi
done || status=1

for library in "$@"; do
    exports=$(exported "$library")
    while IFS= read -r symbol; do
        if ! echo "$exports" | grep -qxF "$symbol"; then
            echo "FAIL: $library does not export $symbol"
            status=1
        fi
    done <"$allowed"
done

if [ "$status" -eq 0 ]; then
    echo "host library imports of $plugin: $(echo "$imports" | wc -l) symbols, all documented"
fi
exit "$status"
