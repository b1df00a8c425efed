#!/usr/bin/env node
'use strict';
require('../lib/shim.js').run('lister');
