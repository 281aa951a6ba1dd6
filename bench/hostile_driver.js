#!/usr/bin/env node
// Runs one operation of the npm module `hostile` on a hosts file of the benchmark's own.
// Usage: node hostile_driver.js MODULES_DIR FILE list
//        node hostile_driver.js MODULES_DIR FILE set|remove IP HOST
'use strict'

const fs = require('fs')
const path = require('path')

function refuse (message) {
  process.stderr.write('hostile_driver: ' + message + '\n')
  process.exit(2)
}

const [modulesDir, file, op, ip, host] = process.argv.slice(2)
if (!modulesDir || !file || !op) refuse('usage: MODULES_DIR FILE list|set|remove [IP HOST]')

// The module defaults to the machine's own hosts file, which no benchmark may touch, so the
// target is resolved through links and refused before the module is even loaded.
const target = fs.realpathSync(file)
let machineHosts = null
try {
  machineHosts = fs.realpathSync('/etc/hosts')
} catch (err) {
  // No hosts file on this machine: nothing to protect there.
}
if (target === '/etc/hosts' || target === machineHosts) refuse('refusing to work on ' + target)

const hostile = require(path.join(modulesDir, 'hostile'))
// Its writers use HOSTS, whatever path the readers were given, so both must name the target.
hostile.HOSTS = target

if (op === 'list') {
  const lines = hostile.getFile(hostile.HOSTS, false)
  process.stdout.write(lines.map((l) => l[0] + ' ' + l[1] + '\n').join(''))
} else if (op === 'set' && ip && host) {
  hostile.set(ip, host)
} else if (op === 'remove' && ip && host) {
  hostile.remove(ip, host)
} else {
  refuse('unknown operation: ' + process.argv.slice(4).join(' '))
}
