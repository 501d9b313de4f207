// Database, acquisition and calibration pages.
'use strict';
