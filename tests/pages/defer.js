console.log('defer ' + document.readyState);
