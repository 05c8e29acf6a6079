console.log('async');
